# Peer pipeline of the indirect-standardization scenario (S3), whole job:
# read the population and national reference CSV files with data.table,
# compute for every BY group (area, year) the observed and expected deaths,
# the SMR and its exact Poisson limits (chi-square quantiles), and write the
# results as CSV.
#
#   Rscript bench/peer/indirect.R DATA_DIR OUT_FILE
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 2) stop("usage: indirect.R DATA_DIR OUT_FILE")
suppressPackageStartupMessages(library(data.table))

pop <- fread(file.path(args[1], "indirect_pop.csv"))
reference <- fread(file.path(args[1], "indirect_ref.csv"))
reference[, ref_rate := ref_deaths / ref_pop]
pop[reference, ref_rate := i.ref_rate, on = "age"]

# SMR of one BY group with exact Poisson limits (95%).
smr_exact <- function(observed, expected) {
  lower <- if (observed == 0) 0 else qchisq(0.025, 2 * observed) / 2
  upper <- qchisq(0.975, 2 * (observed + 1)) / 2
  list(observed = observed, expected = expected, smr = observed / expected,
       lcl = lower / expected, ucl = upper / expected)
}

result <- pop[, smr_exact(sum(deaths), sum(pyears * ref_rate)), by = .(area, year)]
fwrite(result, args[2])
