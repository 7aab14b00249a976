# The tables the equality tests run on: the bundled ones, and those of the
# folders or files in MORVEX_TABLES (colon-separated; CI gives the published
# tables and the end-to-end table cases).
test_tables <- function() {
  bundled <- list.files(system.file("extdata", package = "morvex"), "\\.csv$", full.names = TRUE)
  given <- strsplit(Sys.getenv("MORVEX_TABLES"), ":", fixed = TRUE)[[1]]
  given <- unlist(lapply(given[nzchar(given)], function(p) {
    if (dir.exists(p)) list.files(p, "\\.csv$", full.names = TRUE) else p
  }))
  c(bundled, given)
}

# A table file as a data frame that holds its text field for field.
read_as_text <- function(file) {
  utils::read.csv(file, colClasses = "character", check.names = FALSE, na.strings = character(),
                  strip.white = FALSE, encoding = "UTF-8", blank.lines.skip = FALSE)
}

# Every number of an R object, in order.
numbers_in <- function(x) {
  if (is.list(x)) return(unlist(lapply(unname(x), numbers_in)))
  if (is.double(x)) as.vector(x) else numeric()
}
