# A data frame as the study table the program reads, field for field: doubles
# as the shortest text that reads back to the same double, text as it is,
# factors as their labels, NA as an empty field. Nothing is checked here that
# the program checks: its messages name the column and the row.

table_input <- function(data, name) {
  if (is.character(data) && length(data) == 1L && !is.na(data)) {
    # A file's path: read by the program as the command line reads it.
    return(list(name = data, text = NULL, table = TRUE, printable = printable(data)))
  }
  if (!is.data.frame(data)) {
    stop(sprintf("%s is a %s, not a data frame or a file's path; give a data frame with the columns of a study table (id, type, dose, cases, n, rr, lb, ub)",
                 name, class(data)[1L]), call. = FALSE)
  }
  columns <- lapply(seq_along(data), function(j) table_column(data[[j]], names(data)[j], name))
  header <- names(data)
  if (is.null(header)) header <- rep("", length(columns))
  text <- .Call(morvex_table_text, columns, enc2utf8(as.character(header)))
  # The line each row starts on: a line break inside a text field moves the rest down.
  breaks_in <- function(text) {
    if (!any(grepl("[\r\n]", text))) return(0L)
    lengths(regmatches(text, gregexpr("\r\n|\r|\n", text)))
  }
  breaks <- integer(nrow(data))
  for (column in columns) {
    if (is.character(column)) breaks <- breaks + breaks_in(column)
  }
  header_breaks <- sum(breaks_in(header))
  list(name = name, text = text, table = TRUE, printable = printable(name), data = data,
       row_lines = 1L + header_breaks + seq_len(nrow(data)) + c(0L, cumsum(breaks))[seq_len(nrow(data))],
       row_names = row.names(data))
}

table_column <- function(x, column, name) {
  if (is.factor(x)) return(as.character(x))
  if (is.list(x) || !is.null(dim(x))) {
    stop(sprintf("%s: column %s: a %s cannot stand in a study table; give one value per row (a number or a text)",
                 name, column, if (is.list(x)) "list column" else "matrix column"), call. = FALSE)
  }
  # Numbers as the doubles or integers they hold, whatever their class adds.
  if (is.numeric(x) || is.logical(x)) return(as.vector(unclass(x)))
  # Text as it is; any other class (dates, complex numbers) as R prints it,
  # which the program then reads or refuses naming the column and the row.
  out <- as.character(x)
  out[is.na(x)] <- NA
  enc2utf8(out)
}

# A name as the program's messages write it (control characters escaped).
printable <- function(text) .Call(morvex_printable, enc2utf8(text))
