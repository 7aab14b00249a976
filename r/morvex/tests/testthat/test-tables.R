# A data frame gives what its file gives on the command line, number for
# number and message for message; the numbers are the JSON's to the last bit.

test_that("a data frame of a table's text is the table, with the same numbers and messages", {
  compared <- 0L
  for (file in test_tables()) {
    d <- tryCatch(read_as_text(file), error = function(e) NULL, warning = function(w) NULL)
    if (is.null(d)) next # R cannot hold it as it stands (an open quote)
    # Named as the file, so that the messages and outputs are the command line's.
    input <- morvex:::table_input(d, file)
    if (!identical(input$text, gsub("\r\n?", "\n", readChar(file, file.size(file), TRUE)))) {
      next # blank lines, a byte-order mark, other separators: not the same table
    }
    options <- c("--pool", "--leave-one-out", "--egger")
    from_frame <- morvex:::run_json(options, input)
    from_file <- morvex:::run_json(options, morvex:::table_input(file, file))
    expect_identical(from_frame$json, from_file$json, label = file)
    expect_identical(from_frame$status, from_file$status, label = file)
    expect_identical(from_frame$messages$message, from_file$messages$message, label = file)
    compared <- compared + 1L
  }
  expect_gte(compared, length(test_tables()) / 2)
})

test_that("each number read from the JSON prints back as the program wrote it", {
  for (file in test_tables()) {
    r <- morvex_cli(c("--format=json", "--pool", "--trend=spline", "--by=type", file))
    bare <- gsub("\"(\\\\.|[^\"\\\\])*\"", "\"\"", r$stdout) # strings out
    tokens <- regmatches(bare, gregexpr("-?[0-9][0-9.eE+-]*", bare))[[1]]
    read <- numbers_in(morvex:::run_json(c("--pool", "--trend=spline", "--by=type"),
                                        morvex:::table_input(file, file))$json)
    expect_identical(sort(.Call(morvex:::morvex_shortest, read)), sort(tokens), label = file)
    if (requireNamespace("jsonlite", quietly = TRUE)) {
      independent <- rapply(jsonlite::parse_json(r$stdout), as.double,
                            classes = c("numeric", "integer"), how = "unlist")
      expect_identical(sort(read), unname(sort(independent)), label = file)
    }
  }
})

test_that("the package's program is the command line's, byte for byte", {
  cli <- Sys.getenv("MORVEX_CLI")
  skip_if(!nzchar(cli), "MORVEX_CLI names no program")
  for (file in test_tables()) {
    for (args in list(c("--format=json", "--pool", "--increment=10", "--leave-one-out"),
                      c("--format=json", "--trend=spline", "--at=0,5,10"),
                      c("--format=csv", "--one-stage", "--covariance=hamling"))) {
      ours <- morvex_cli(c(args, file))
      out <- tempfile()
      status <- system2(cli, c(args, shQuote(file)), stdout = out, stderr = FALSE)
      theirs <- if (file.size(out) > 0) readChar(out, file.size(out), useBytes = TRUE) else ""
      expect_identical(ours$stdout, theirs, label = paste(file, args[2]))
      expect_identical(ours$status, status, label = file)
    }
  }
})

test_that("numbers R reads from a table reach the program as the same doubles", {
  for (file in test_tables()[grepl("published-tables|extdata", test_tables())]) {
    d <- utils::read.csv(file, check.names = FALSE)
    fit <- suppressWarnings(drma(d))
    from_file <- morvex:::run_json("--pool", morvex:::table_input(file, "d"))$json
    expect_identical(fit$studies$beta, from_file$studies$beta, label = file)
    expect_identical(fit$pooled$reml, from_file$pooled$reml, label = file)
  }
})
