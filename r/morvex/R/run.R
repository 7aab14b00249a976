# The program's run from R: arguments and texts in, status, output and
# messages out. Every figure comes from the program; R converts.

# The command line itself, for anything the functions do not cover.
morvex_cli <- function(args, stdin = NULL) {
  args <- as.character(args)
  if (anyNA(args)) stop("morvex_cli(): an argument is NA")
  stdin <- if (is.null(stdin)) "" else paste(as.character(stdin), collapse = "\n")
  r <- .Call(morvex_run, args, character(), character(), logical(), stdin, FALSE)
  list(status = r[[1]], stdout = r[[2]], stderr = r[[3]])
}

# Runs the program on one input given as text (a table, or a setting file)
# or as a file's path, with --format=json (the output as R objects) or
# another format (the output as text).
run_json <- function(options, input, format = "json") {
  args <- c(paste0("--format=", format), options, "--", input$name)
  given <- !is.null(input$text)
  r <- .Call(morvex_run, args, if (given) input$name else character(),
             if (given) input$text else character(), given && input$table, "", format == "json")
  list(status = r[[1]], json = r[[2]], messages = read_messages(r[[3]], input))
}

# Standard error's lines as a data frame: each message with its kind (warning,
# note or refusal), the table line it names and, for a data frame, its row.
read_messages <- function(text, input) {
  lines <- strsplit(text, "\n", fixed = TRUE)[[1]]
  lines <- lines[nzchar(lines)]
  rest <- sub("^Morvex: ", "", lines)
  at <- paste0(input$printable, ":")
  located <- startsWith(rest, at)
  after <- substring(rest, nchar(at) + 1L)
  numbered <- located & grepl("^[0-9]+:", after)
  line <- rep(NA_integer_, length(lines))
  line[numbered] <- as.integer(sub(":.*", "", after[numbered]))
  where <- after
  where[numbered] <- sub("^[0-9]+:", "", after[numbered])
  kind <- rep("refusal", length(lines))
  kind[located & startsWith(where, " warning: ")] <- "warning"
  kind[located & startsWith(where, " note: ")] <- "note"
  row <- if (is.null(input$row_lines)) rep(NA_character_, length(line)) else
    input$row_names[findInterval(line, input$row_lines)][seq_along(line)]
  row[is.na(line) | line < 2L] <- NA
  data.frame(kind = kind, line = line, row = row, message = lines, stringsAsFactors = FALSE)
}

# The messages as R conditions: refusals and warnings as warnings, notes as
# messages; a data frame's row is named after the program's line.
signal_messages <- function(messages, call) {
  for (i in seq_len(nrow(messages))) {
    m <- messages[i, ]
    text <- if (is.na(m$row)) m$message else sprintf("%s (row %s)", m$message, m$row)
    cond <- structure(class = c(paste0("morvex_", m$kind), if (m$kind == "note") "message"
                                else "warning", "condition"),
                      list(message = if (m$kind == "note") paste0(text, "\n") else text,
                           call = call, line = m$line, row = m$row))
    if (m$kind == "note") message(cond) else warning(cond)
  }
}

stop_with <- function(messages, call, why = NULL) {
  text <- messages$message
  rows <- !is.na(messages$row)
  text[rows] <- sprintf("%s (row %s)", text[rows], messages$row[rows])
  stop(structure(class = c("morvex_error", "error", "condition"),
                 list(message = paste(c(why, text), collapse = "\n"), call = call,
                      messages = messages)))
}
