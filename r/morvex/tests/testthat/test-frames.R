# A bad data frame gives an R error or warning that names the column and the
# row; R never crashes, and the other studies go on as on the command line.

good <- function() {
  read.csv(system.file("extdata", "alcohol-colorectal-cancer.csv", package = "morvex"))
}

test_that("faults of a data frame are named by column and row, and the other studies go on", {
  d <- good()
  na_dose <- d; na_dose$dose[3] <- NA
  text_rr <- d; text_rr$rr <- as.character(text_rr$rr); text_rr$rr[9] <- "1,2"
  no_reference <- d[-1, ]
  cases <- list(
    list(na_dose, "d:4: column dose: study atm: missing value \\(row 3\\)"),
    list(text_rr, "d:10: column rr: study hpm: expected a plain decimal number, got \"1,2\".* \\(row 9\\)"),
    list(no_reference, "column lb: study atm: no reference row.* \\(row [0-9]+\\)"))
  for (case in cases) {
    d <- case[[1]]
    w <- NULL
    fit <- withCallingHandlers(drma(d), warning = function(c) {
      w <<- c(w, conditionMessage(c))
      invokeRestart("muffleWarning")
    })
    expect_match(w, case[[2]], all = FALSE)
    expect_identical(sum(fit$studies$status == "complete"), 7L)
  }
})

test_that("a frame the program cannot read at all is an error that says why", {
  d <- good()
  no_rr <- d[, names(d) != "rr"]
  expect_error(drma(no_rr), "no_rr:1: the header lacks column rr")
  empty <- d[0, ]
  expect_error(drma(empty), "empty:2: the table has a header but no rows of studies")
  expect_error(drma(data.frame()), "the table has no header row")
  expect_error(drma(list(a = 1)), "list, not a data frame")
  with_list <- d; with_list$dose <- as.list(with_list$dose)
  expect_error(drma(with_list), "column dose: a list column")
  one <- d[d$id == "atm", ]
  w <- character()
  fit <- withCallingHandlers(drma(one, trend = "spline"), warning = function(c) {
    w <<- c(w, conditionMessage(c))
    invokeRestart("muffleWarning")
  })
  expect_identical(w, c("Morvex: no pooling: 1 study has a complete estimate; pooling needs 2 or more",
                        "Morvex: no pooled trend: 1 study can enter the pooled fit; it needs 2 or more"))
  expect_output(print(fit), "of one: 1 study, 1 estimated\\nPooled slope: 1 study has")
})

test_that("factors, integers and numbers with classes are read as what they hold", {
  d <- good()
  plain <- drma(d)
  f <- d; f$id <- factor(f$id, levels = rev(unique(f$id))); f$type <- factor(f$type)
  f$cases <- as.integer(f$cases)
  expect_identical(drma(f)$studies[c("id", "beta", "se")], plain$studies[c("id", "beta", "se")])
  tib <- structure(d, class = c("tbl_df", "tbl", "data.frame"))
  expect_identical(drma(tib)$pooled$reml, plain$pooled$reml)
})

test_that("notes are messages, and a study's text fields keep their line breaks", {
  d <- good()
  d$dose <- as.character(d$dose)
  d$dose[2] <- "1-3"
  expect_message(drma(d), "d:3: note: study atm: dose \"1-3\" taken as 2 \\(midpoint\\) \\(row 2\\)")
  d <- good()
  d$id[d$id == "hpm"] <- "h\npm"
  w <- character()
  fit <- withCallingHandlers(drma(d[-7, ]), warning = function(c) {
    w <<- c(w, conditionMessage(c))
    invokeRestart("muffleWarning")
  })
  expect_identical(fit$studies$id[2], "h\npm")
  expect_match(w, "study h\\\\x0apm: no reference row.*\\(row 8\\)")
})

test_that("the memory used does not grow across a thousand fits", {
  d <- good()
  used <- function() {
    invisible(gc())
    sum(gc()[, 2])
  }
  # The process's resident memory, which the program's own allocations count in (Linux).
  resident <- function() {
    status <- if (file.exists("/proc/self/status")) readLines("/proc/self/status") else character()
    kb <- as.numeric(gsub("[^0-9]", "", grep("^VmRSS:", status, value = TRUE)))
    if (length(kb) == 1L) kb / 1024 else 0
  }
  for (i in 1:300) drma(d) # R and the allocator take what they keep
  before <- c(used(), resident())
  for (i in 1:1000) drma(d)
  growth <- c(used(), resident()) - before
  expect_lt(growth[1], 1) # megabytes of R's heap
  expect_lt(growth[2], 3) # megabytes resident: a leak of the output (15 KB a fit) would show
})
