# drma()'s arguments are the program's options: each option that concerns the
# analysis or its output has an argument (or is set by the package itself),
# and each argument makes the option of the program's own example.

test_that("every analysis and output option is an argument of drma(), and no argument is stale", {
  list <- morvex:::morvex_options()
  wanted <- list$name[list$use %in% c("analysis", "output")]
  arguments <- setdiff(names(formals(drma)), c("data", "..."))
  # Options still reached only through ... (add the option here, or an argument, as it lands).
  through_dots <- c("highest-vs-lowest", "moderator", "goodness-of-fit", "trim-and-fill",
                    "rank-test")
  expect_setequal(c(gsub("_", "-", arguments), through_dots),
                  setdiff(wanted, morvex:::set_by_package))
})

test_that("each option's example is what its argument makes", {
  list <- morvex:::morvex_options()
  for (i in seq_len(nrow(list))) {
    name <- list$name[i]
    if (name %in% morvex:::set_by_package) next
    example <- list$example[i]
    value <- sub("^[^=]*=?", "", example)
    value <- gsub("^\"|\"$", "", value)
    r_value <- if (!grepl("=", example, fixed = TRUE)) TRUE else
      if (grepl("^[-0-9.,]+$", value)) as.numeric(strsplit(value, ",")[[1]]) else value
    made <- morvex:::option_args(stats::setNames(list(r_value), gsub("-", "_", name)))
    expect_identical(made, gsub("\"", "", example), label = name)
  }
})

test_that("a wrong argument is refused before the program runs, or by the program's message", {
  d <- read.csv(system.file("extdata", "alcohol-colorectal-cancer.csv", package = "morvex"))
  expect_error(drma(d, bogus = 1), "bogus is no argument; the options are .*knapp_hartung")
  expect_error(drma(d, plot = "x.svg"), "plot is no argument")
  expect_error(drma(d, increment = NA), "increment must be a value of the form D")
  expect_error(drma(d, egger = "yes"), "egger must be TRUE or FALSE")
  expect_error(drma(d, increment = Inf), "increment must be finite")
  expect_error(drma(d, covariance = "hamlin"), "Morvex: unknown .*hamlin")
  # A double reaches the program as the shortest text that reads back to it.
  expect_identical(morvex:::option_args(list(increment = 0.1 + 0.2, at = c(1e-300, 3))),
                   c("--increment=0.30000000000000004", "--at=1e-300,3"))
})
