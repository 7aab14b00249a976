# One study's slope as the classic program gives it: the nine lines of a
# setting file made from the vectors, reference category first.
gl_trend <- function(dose, cases, n, rr, lb, ub, type = c("cc", "ci", "ir")) {
  type <- match.arg(type)
  values <- list(cases = cases, n = n, dose = dose, rr = rr, lb = lb, ub = ub)
  k <- length(dose)
  for (name in names(values)) {
    v <- values[[name]]
    if (!is.numeric(v) || length(v) != k) {
      stop(sprintf("gl_trend(): %s must be %d numbers, one per category, reference first",
                   name, k), call. = FALSE)
    }
  }
  line <- function(v) {
    text <- rep("NA", length(v)) # the reference's relative risk and limits are never read
    text[!is.na(v)] <- if (any(!is.na(v))) .Call(morvex_shortest, as.double(v[!is.na(v)]))
    paste(text, collapse = " ")
  }
  setting <- paste(c("gl_trend", c(cc = "CC", ci = "CI", ir = "IR")[[type]], k,
                     vapply(values, line, ""), ""), collapse = "\n")
  input <- list(name = "gl_trend", text = setting, table = FALSE, printable = "gl_trend")
  r <- run_json(character(), input)
  study <- if (is.data.frame(r$json$studies)) r$json$studies
  if (is.null(study) || study$status %in% c("refused", "stopped")) stop_with(r$messages, sys.call())
  signal_messages(r$messages, sys.call())
  list(slope = study$beta, se = study$se, fitted = study$fitted[[1]], study = study)
}
