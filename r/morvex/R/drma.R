# The whole analysis of a data frame: the program's run with --pool and
# --format=json on the table the data frame makes, its JSON and summary table
# as R objects, its messages as R conditions.

drma <- function(data, trend = "linear", knots = 3, one_stage = FALSE, covariance = "gl",
                 missing_counts = "refuse", open_width = 1, increment = NULL, by = NULL,
                 model = "reml", at = NULL, reference_dose = NULL, knapp_hartung = FALSE,
                 leave_one_out = FALSE, egger = FALSE, title = NULL, unit = NULL,
                 measure = NULL, ...) {
  call <- match.call()
  # The arguments given, as the program's options; defaults are the program's own.
  given <- as.list(call)[-1L]
  given <- given[setdiff(names(given), c("data", ""))]
  options <- mget(intersect(names(given), names(formals(drma))), envir = environment())
  options <- c(options, list(...))
  option_args(options) # refuses an argument that is no option before anything runs
  if (!is.null(options$model)) model <- match.arg(model, c("fixed", "dl", "reml", "all"))
  input <- table_input(data, paste(deparse(substitute(data), width.cutoff = 500L),
                                   collapse = " "))
  fit <- fit_of(input, options, call)
  fit$model <- model
  fit
}

# The fit with `options` (a named list of R values) on `input`; with `curve`,
# the pooled trend even when it is the linear slope.
fit_of <- function(input, options, call, curve = FALSE) {
  analyses <- tempfile(fileext = ".csv")
  paragraph <- tempfile(fileext = ".txt")
  on.exit(unlink(c(analyses, paragraph)))
  r <- run_json(c("--pool", analysis_args(options, curve), paste0("--summary=", analyses),
                  paste0("--paragraph=", paragraph)), input)
  estimated <- if (is.data.frame(r$json$studies)) sum(r$json$studies$status == "complete") else 0L
  if (r$status == 1L || r$status == 3L || estimated == 0L) {
    stop_with(r$messages, call, if (r$status != 1L && nrow(r$messages) == 0L)
      "Morvex: no study could be estimated")
  }
  signal_messages(r$messages, call)
  structure(list(
    call = call, input = input, options = options, status = r$status,
    studies = r$json$studies, pooled = r$json$pooled, curve = r$json$curve,
    analyses = if (file.exists(analyses)) read_table(readChar(analyses, file.size(analyses), TRUE)),
    paragraph = if (file.exists(paragraph)) readChar(paragraph, file.size(paragraph), TRUE),
    messages = r$messages,
    model = "reml"), class = "drma")
}

# The options of the pooled trend: --trend and its company only when the fit
# is more than the linear slope that --pool gives.
curve_names <- c("trend", "knots", "one_stage", "at", "reference_dose")
curve_args <- function(options, curve = FALSE) {
  linear <- identical(options$trend, "linear") || is.null(options$trend)
  curve <- curve || !linear || any(names(options) %in% setdiff(curve_names, "trend"))
  if (!curve) return(character())
  curve <- options[intersect(names(options), curve_names)]
  if (is.null(curve$trend)) curve$trend <- "linear"
  option_args(curve)
}

# The options of the analysis: those of the pictures only with a picture.
analysis_args <- function(options, curve = FALSE) {
  list <- morvex_options()
  drawing <- gsub("-", "_", list$name[list$use == "output"], fixed = TRUE)
  options <- options[setdiff(names(options), drawing)]
  c(curve_args(options, curve), option_args(options[setdiff(names(options), curve_names)]))
}

# A CSV text of the program (its study rows, its summary table) as a data
# frame; a column of numbers read as the program reads them, so that each is
# the double the program wrote.
read_table <- function(text) {
  table <- utils::read.csv(text = text, colClasses = "character", check.names = FALSE,
                           na.strings = character(), encoding = "UTF-8")
  for (column in names(table)) {
    numbers <- .Call(morvex_numbers, table[[column]])
    if (any(!is.na(numbers)) && all(is.na(numbers) == !nzchar(table[[column]]))) {
      table[[column]] <- numbers
    } else if (all(table[[column]] %in% c("true", "false"))) {
      table[[column]] <- table[[column]] == "true"
    }
  }
  table
}
