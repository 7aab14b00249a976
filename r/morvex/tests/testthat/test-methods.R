# The methods give the program's figures: what its JSON, summary table and
# pictures hold for the same table and options.

file <- system.file("extdata", "alcohol-colorectal-cancer.csv", package = "morvex")
cli_json <- function(args) {
  r <- morvex_cli(c("--format=json", args, file))
  morvex:::run_json(args, morvex:::table_input(file, file))$json
}

test_that("coef, confint, vcov and predict are the program's figures", {
  d <- read.csv(file)
  fit <- drma(d, increment = 10, model = "dl")
  json <- cli_json(c("--pool", "--increment=10"))
  expect_identical(coef(fit), c(dose = json$pooled$dl$estimate))
  expect_identical(unname(confint(fit)[1, ]), c(json$pooled$dl$lower, json$pooled$dl$upper))
  expect_identical(coef(fit, model = "fixed"), c(dose = json$pooled$fixed$estimate))
  linear <- cli_json(c("--trend=linear", "--at=0,12,24", "--reference-dose=6"))
  expect_identical(unname(vcov(fit)), linear$curve$moments$cov)
  expect_identical(predict(fit, dose = c(0, 12, 24), reference = 6), linear$curve$moments$predictions)
  expect_error(confint(fit, level = 0.9), "95% limits only")

  spline <- drma(d, trend = "spline", knots = c(5, 20, 40))
  json <- cli_json(c("--trend=spline", "--knots=5,20,40"))
  expect_identical(coef(spline), c(dose = json$curve$reml$beta[1], spline1 = json$curve$reml$beta[2]))
  expect_identical(unname(vcov(spline)), json$curve$reml$cov)
  expect_identical(as.data.frame(spline, what = "curve"), json$curve$reml$predictions)
  expect_identical(confint(spline)[, 1], c(dose = spline$analyses$lower[spline$analyses$analysis ==
    "trend" & spline$analyses$model == "reml"][1], spline1 = spline$analyses$lower[
    spline$analyses$analysis == "trend" & spline$analyses$model == "reml"][2]))
})

test_that("the summary table's numbers are the JSON's, and the studies the CSV's columns", {
  fit <- drma(read.csv(file), increment = 10, leave_one_out = TRUE)
  a <- as.data.frame(fit, what = "pooled")
  overall <- a[a$analysis == "overall", ]
  expect_identical(overall$estimate, c(fit$pooled$fixed$estimate, fit$pooled$dl$estimate,
                                       fit$pooled$reml$estimate))
  expect_identical(overall$rr_upper, c(fit$pooled$fixed$rr_upper, fit$pooled$dl$rr_upper,
                                       fit$pooled$reml$rr_upper))
  csv <- strsplit(morvex_cli(c("--format=csv", "--increment=10", file))$stdout, "\r\n")[[1]]
  studies <- as.data.frame(fit)
  expect_identical(paste(names(studies), collapse = ","), csv[1])
  expect_identical(studies$rr, fit$studies$rr_cli <- .Call(morvex:::morvex_numbers,
    vapply(strsplit(csv[-1], ","), `[`, "", 16)))
  expect_output(print(fit), "RR per 10 units of dose 1.07 \\(95% CI 1.04 to 1.10\\), p < 0.001")
  means <- data.frame(id = rep(c("a", "b", "c"), each = 3), dose = rep(c(0, 2, 5), 3),
                      mean = c(120.5, 118.2, 115.9, 130, 129, 127.2, 110, 109.5, 107),
                      sd = 12, n = 100)
  expect_output(print(suppressMessages(drma(means, measure = "smd", unit = "g/day"))),
                "SMD per g/day")
  expect_output(print(summary(fit)), "leave-one-out")
  paragraph <- tempfile(fileext = ".txt")
  morvex_cli(c("--increment=10", "--leave-one-out", paste0("--paragraph=", paragraph), file))
  expect_identical(fit$paragraph, readChar(paragraph, file.size(paragraph), TRUE))
})

test_that("the pictures are the program's own, byte for byte", {
  fit <- drma(file, increment = 10, title = "Alcohol") # named as the file, as the program names it
  for (case in list(list("forest", c("--plot=%s", "--increment=10", "--title=Alcohol")),
                    list("funnel", c("--funnel=%s", "--increment=10", "--title=Alcohol")),
                    list("curve", c("--plot=%s", "--trend=linear", "--increment=10", "--title=Alcohol")))) {
    ours <- plot(fit, type = case[[1]], file = tempfile(fileext = ".svg"))
    theirs <- tempfile(fileext = ".svg")
    morvex_cli(c("--pool", sprintf(case[[2]], theirs), file))
    expect_identical(readLines(ours), readLines(theirs), label = case[[1]])
  }
  d <- read.csv(file)
  fit <- drma(d)
  one <- plot(fit, type = "dose-response", study = "hpm", file = tempfile(fileext = ".svg"))
  expect_match(paste(readLines(one), collapse = ""), "hpm")
  expect_error(plot(fit, type = "dose-response"), "study =")
})

test_that("gl_trend is the classic program on the same nine lines", {
  r <- gl_trend(dose = c(0, 2, 6, 11), cases = c(165, 74, 90, 122), n = c(337, 167, 186, 212),
                rr = c(1, 0.80, 1.16, 1.57), lb = c(NA, 0.51, 0.73, 0.99),
                ub = c(NA, 1.27, 1.85, 2.51), type = "cc")
  setting <- "t\nCC\n4\n165 74 90 122\n337 167 186 212\n0 2 6 11\n1 0.80 1.16 1.57\n1 0.51 0.73 0.99\n1 1.27 1.85 2.51\n"
  cli <- morvex_cli(c("--format=csv", "-"), stdin = setting)
  row <- strsplit(strsplit(cli$stdout, "\r\n")[[1]][2], ",")[[1]]
  expect_identical(.Call(morvex:::morvex_shortest, c(r$slope, r$se)), row[7:8])
  expect_length(r$fitted, 4)
  expect_error(gl_trend(dose = 1:3, cases = 1:2, n = 1:3, rr = 1:3, lb = 1:3, ub = 1:3), "cases must be 3 numbers")
  expect_error(gl_trend(dose = c(0, 1), cases = c(10, 0), n = c(20, 20), rr = c(1, 1.2),
                        lb = c(NA, 0.5), ub = c(NA, 2), type = "cc"), "Morvex: gl_trend")
})

test_that("the command line runs from R with its standard input", {
  r <- morvex_cli(c("--format=csv", "-"), stdin = readLines(file))
  expect_identical(r$status, 0L)
  expect_identical(morvex_cli("--bogus")$status, 1L)
  expect_match(morvex_cli("--bogus")$stderr, "unknown option")
  expect_identical(morvex_cli("--version")$stdout, "Morvex 1.0\n")
})
