# The methods R users type without thinking. Every figure is the program's;
# what a person reads is rounded as the forest plot rounds it.

model_names <- c(fixed = "fixed effect", dl = "DerSimonian-Laird", reml = "REML",
                 moments = "method of moments")

# The pooled model a method reports: the fit's, REML for "all"; a curve's
# DerSimonian-Laird is its method of moments.
model_of <- function(fit, model = NULL, curve = FALSE) {
  model <- if (is.null(model)) fit$model else model
  model <- match.arg(model, c("fixed", "dl", "reml", "all", "moments"))
  if (model == "all") model <- "reml"
  if (curve && model == "dl") "moments" else if (!curve && model == "moments") "dl" else model
}

has_curve <- function(fit) !is.null(fit$curve)

# Three significant digits in fixed notation (33.1, 0.909, 0.00168), as the forest plot.
digits3 <- function(v) {
  ifelse(is.na(v), "n/a", ifelse(v == 0, "0", sprintf("%.*f",
    pmin(pmax(2L - floor(log10(abs(v))), 0L), 12L), v)))
}
p_text <- function(p) ifelse(is.na(p), "p n/a", ifelse(p < 0.001, "p < 0.001", sprintf("p = %.3f", p)))

print.drma <- function(x, ...) {
  s <- x$studies
  cat(sprintf("Morvex dose-response meta-analysis of %s: %d %s, %d estimated\n", x$input$name,
              nrow(s), if (nrow(s) == 1L) "study" else "studies", sum(s$status == "complete")))
  p <- x$pooled
  m <- model_of(x)
  if (!is.null(p) && !is.null(p[[m]])) {
    e <- p[[m]]
    cat(sprintf("Linear trend, %s (%d studies):\n", model_names[[m]], p$k))
    # The RR (for means the MD or SMD) per the increment, or per unit, of the
    # dose's unit (--unit) or "units of dose".
    measure <- if (is.null(p$measure)) "rr" else p$measure
    unit <- if (is.null(x$options$unit)) "units of dose" else x$options$unit
    per <- if (is.null(p$increment) || is.na(p$increment)) {
      if (is.null(x$options$unit)) "unit of dose" else unit
    } else paste(.Call(morvex_shortest, p$increment), unit)
    cat(sprintf("  %s per %s %s (95%% CI %s to %s), %s\n", toupper(measure), per,
                digits3(e[[measure]]), digits3(e[[paste0(measure, "_lower")]]),
                digits3(e[[paste0(measure, "_upper")]]), p_text(e$p)))
    h <- p$heterogeneity
    cat(sprintf("  Heterogeneity: I\u00b2 = %.1f%%, Q = %s (df = %d), %s\n", h$I2, digits3(h$Q),
                as.integer(h$df), p_text(h$p)))
  } else if (!is.null(p) && nzchar(p$message)) {
    cat("Pooled slope: ", p$message, "\n", sep = "")
  }
  if (has_curve(x)) {
    cu <- x$curve
    mc <- model_of(x, curve = TRUE)
    cat(sprintf("Pooled %s trend (%s, %s):", cu$trend, cu$model, model_names[[mc]]))
    if (!is.null(cu[[mc]]$wald_nonlinear)) {
      cat(" non-linearity", p_text(cu[[mc]]$wald_nonlinear$p))
    }
    if (!is.null(cu[[mc]]$wald_overall)) cat(", overall", p_text(cu[[mc]]$wald_overall$p))
    cat(if (nzchar(cu$message)) paste0(" ", cu$message), "\n", sep = "")
  }
  left <- s$status != "complete"
  if (any(left)) {
    cat(sprintf("%d %s not estimated (see summary()): %s\n", sum(left),
                if (sum(left) == 1L) "study" else "studies",
                paste(utils::head(s$id[left], 5L), collapse = ", ")))
  }
  invisible(x)
}

summary.drma <- function(object, ...) {
  structure(list(fit = object, studies = as.data.frame(object, what = "studies"),
                 pooled = object$analyses,
                 curve = if (has_curve(object)) as.data.frame(object, what = "curve")),
            class = "summary.drma")
}

print.summary.drma <- function(x, ...) {
  print(x$fit)
  cat("\nStudies:\n")
  print(x$studies[, intersect(c("id", "design", "categories", "beta", "se", "lower", "upper",
                                "p", "status", "message"), names(x$studies))], row.names = FALSE)
  cat("\nAnalyses (one row per analysis and model; as.data.frame(fit, \"pooled\")):\n")
  shown <- vapply(x$pooled, function(v) !all(is.na(v) | v == ""), TRUE)
  print(x$pooled[, shown, drop = FALSE], row.names = FALSE)
  if (!is.null(x$curve)) {
    cat("\nPooled trend (as.data.frame(fit, \"curve\")):\n")
    print(x$curve, row.names = FALSE)
  }
  invisible(x)
}

# The study rows of the command line's CSV, the summary table, or the pooled
# trend's relative risks at each dose.
as.data.frame.drma <- function(x, row.names = NULL, optional = FALSE,
                               what = c("studies", "pooled", "curve"), model = NULL, ...) {
  what <- match.arg(what)
  if (what == "pooled") return(x$analyses)
  if (what == "curve") {
    if (!has_curve(x)) stop("the fit has no pooled trend; give drma() trend = or at =")
    return(x$curve[[model_of(x, model, curve = TRUE)]]$predictions)
  }
  # The command line's CSV of the same run.
  read_table(run_json(analysis_args(x$options), x$input, format = "csv")$json)
}

# The pooled slope, or the pooled trend's coefficients.
coef.drma <- function(object, model = NULL, ...) {
  if (has_curve(object)) {
    m <- object$curve[[model_of(object, model, curve = TRUE)]]
    return(stats::setNames(m$beta, coefficient_names(object$curve)))
  }
  c(dose = object$pooled[[model_of(object, model)]]$estimate)
}

# The names the program's report gives the coefficients.
coefficient_names <- function(curve) {
  p <- curve$coefficients
  switch(curve$trend, linear = "dose", quadratic = c("dose", "dose^2"),
         c("dose", if (p > 1) paste0("spline", seq_len(p - 1L))))
}

# The covariance of coef(): the pooled trend's, or for the linear slope alone
# that of the program's one-coefficient trend (--trend=linear).
vcov.drma <- function(object, model = NULL, ...) {
  if (!has_curve(object)) {
    object <- fit_of(object$input, c(object$options, list(trend = "linear")), object$call,
                     curve = TRUE)
  }
  v <- object$curve[[model_of(object, model, curve = TRUE)]]$cov
  dimnames(v) <- rep(list(coefficient_names(object$curve)), 2L)
  v
}

# The program's 95% limits; no other level is computed.
confint.drma <- function(object, parm, level = 0.95, model = NULL, ...) {
  if (!isTRUE(all.equal(level, 0.95))) {
    stop("the program gives 95% limits only; confint() computes no other level")
  }
  if (has_curve(object)) {
    m <- model_of(object, model, curve = TRUE)
    rows <- object$analyses[object$analyses$analysis == "trend" & object$analyses$model == m, ]
    limits <- cbind(rows$lower, rows$upper)
    rownames(limits) <- coefficient_names(object$curve)
  } else {
    e <- object$pooled[[model_of(object, model)]]
    limits <- matrix(c(e$lower, e$upper), 1L, dimnames = list("dose", NULL))
  }
  colnames(limits) <- c("2.5 %", "97.5 %")
  if (missing(parm)) limits else limits[parm, , drop = FALSE]
}

# The pooled trend's relative risks at `dose` against `reference`, by the
# program's run with --at and --reference-dose.
predict.drma <- function(object, dose, reference = NULL, model = NULL, ...) {
  if (missing(dose)) dose <- NULL
  options <- object$options
  if (is.null(options$trend)) options$trend <- "linear"
  options$at <- if (is.null(dose)) NULL else dose
  options$reference_dose <- reference
  refit <- fit_of(object$input, options, object$call)
  refit$curve[[model_of(object, model, curve = TRUE)]]$predictions
}

# The program's own picture: written to `file`, or shown from a temporary file.
plot.drma <- function(x, type = c("forest", "curve", "funnel", "dose-response"), file = NULL,
                      study = NULL, ...) {
  type <- if (length(type) > 1L) "forest" else type
  svg <- if (is.null(file)) tempfile(fileext = ".svg") else file
  options <- x$options
  input <- x$input
  if (is.null(options$model) && x$model != "reml") options$model <- x$model
  # Any other picture of the program by its option's name (a FILE.svg option).
  picture <- switch(type, forest = "plot", curve = "plot", `dose-response` = "plot", type)
  if (type != "curve") options[intersect(names(options), curve_names)] <- NULL
  if (type == "dose-response") input <- one_study(x, study)
  args <- c("--pool", option_args(options[setdiff(names(options), curve_names)]),
            curve_args(options, curve = type == "curve"), paste0("--", picture, "=", svg))
  if (type == "funnel") args <- args[!grepl("^--model=", args)]
  r <- run_json(args, input)
  if (!file.exists(svg) || r$status == 3L) stop_with(r$messages, sys.call())
  if (is.null(file) && interactive()) {
    viewer <- getOption("viewer")
    if (is.function(viewer)) viewer(svg) else utils::browseURL(svg)
  }
  invisible(svg)
}

# One study's rows as an input of their own, for its dose-response plot.
one_study <- function(fit, study) {
  if (is.null(study)) {
    if (nrow(fit$studies) == 1L) return(fit$input)
    stop("plot(type = \"dose-response\") draws one study: name it with study = (an id)")
  }
  data <- fit$input$data
  id <- if (is.data.frame(data)) .Call(morvex_id_column, as.character(names(data))) else NA
  if (is.na(id)) stop("plot(type = \"dose-response\", study =) needs a fit of a data frame with an id column")
  rows <- as.character(data[[id]]) == as.character(study)
  if (!any(rows, na.rm = TRUE)) stop(sprintf("no study %s in %s", study, fit$input$name))
  table_input(data[which(rows), , drop = FALSE], fit$input$name)
}
