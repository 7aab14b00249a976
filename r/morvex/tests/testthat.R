library(testthat)
library(morvex)
test_check("morvex")
