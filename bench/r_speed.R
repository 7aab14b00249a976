# Times drma() against the command line on one table, in turns, one run of
# each per round, and prints the median wall time of each and their ratio.
# drma() is timed from the data frame read by read.csv (its conversion to the
# program's table text included) to the fit with its R objects; the command
# line from its start to the end of its JSON report (--pool --format=json
# --summary, the run drma() makes). Each figure is the median of RUNS rounds.
#   Rscript bench/r_speed.R MORVEX TABLE.csv [RUNS]
args <- commandArgs(trailingOnly = TRUE)
morvex <- args[1]
table <- args[2]
runs <- if (length(args) > 2) as.integer(args[3]) else 5L
library(morvex)
d <- utils::read.csv(table)
summary_file <- tempfile(fileext = ".csv")
times <- matrix(NA_real_, runs, 2, dimnames = list(NULL, c("cli", "drma")))
for (i in seq_len(runs)) {
  times[i, "cli"] <- system.time(system2(morvex, c("--pool", "--format=json",
    paste0("--summary=", summary_file), table), stdout = FALSE))[["elapsed"]]
  fit <- NULL # the previous round's fit is not kept while this one is made
  times[i, "drma"] <- system.time(fit <- drma(d))[["elapsed"]]
}
med <- apply(times, 2, stats::median)
cat(sprintf("%d studies, %d rounds: command line %.2f s, drma() %.2f s (median), ratio %.2f\n",
            nrow(fit$studies), runs, med[["cli"]], med[["drma"]], med[["drma"]] / med[["cli"]]))
