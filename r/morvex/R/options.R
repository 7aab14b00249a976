# R's arguments as the program's options, driven by the program's own list of
# options: an argument named like an option (underscores for dashes) becomes
# that option, so that an option added to the program is an argument here.

the <- new.env(parent = emptyenv())

# Every option of the program, a row each: name, value, choices, use, example, summary.
morvex_options <- function() {
  if (is.null(the$options)) the$options <- .Call(morvex_option_list)
  the$options
}

# What the functions of this package set themselves; not arguments of drma().
# The pictures are plot()'s: plot(fit, type = "bubble") for --bubble.
set_by_package <- c("format", "summary", "paragraph", "plot", "funnel", "bubble", "residuals",
                    "help", "version", "pool")

# The command line's options for named R values: TRUE for an option without a
# value (FALSE and NULL leave it out); numbers as the shortest text that
# reads back to the same double; several values joined by commas where the
# option takes a list (--at=0,10,20), else the option repeated.
option_args <- function(values, caller = "drma") {
  list <- morvex_options()
  args <- character()
  for (r_name in names(values)) {
    value <- values[[r_name]]
    name <- gsub("_", "-", r_name, fixed = TRUE)
    entry <- match(name, list$name)
    if (is.na(entry) || name %in% set_by_package) {
      stop(sprintf("%s(): %s is no argument; the options are %s", caller, r_name,
                   paste(gsub("-", "_", setdiff(list$name, set_by_package)), collapse = ", ")),
           call. = FALSE)
    }
    if (is.null(value) || identical(value, FALSE)) next
    if (isTRUE(value)) {
      args <- c(args, paste0("--", name))
      next
    }
    form <- list$value[entry]
    if (!nzchar(form) || is.logical(value) || anyNA(value) || length(value) == 0L ||
        !(is.numeric(value) || is.character(value) || is.factor(value))) {
      stop(sprintf("%s(): %s must be %s, not %s", caller, r_name,
                   if (nzchar(form)) paste("a value of the form", form) else "TRUE or FALSE",
                   paste(deparse(value), collapse = " ")), call. = FALSE)
    }
    text <- if (is.numeric(value)) number_text(value, r_name, caller) else as.character(value)
    args <- c(args, if (grepl(",", form, fixed = TRUE)) {
      paste0("--", name, "=", paste(text, collapse = ","))
    } else {
      paste0("--", name, "=", text)
    })
  }
  args
}

number_text <- function(value, r_name, caller) {
  if (any(!is.finite(value))) {
    stop(sprintf("%s(): %s must be finite numbers", caller, r_name), call. = FALSE)
  }
  .Call(morvex_shortest, as.double(value))
}
