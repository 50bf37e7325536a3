# Peer pipeline of the direct-standardization scenario (S2), whole job:
# read the population and standard CSV files with data.table, compute for
# every BY group (area, year) and population (sex) the directly standardized
# rate with Fay-Feuer gamma limits by epitools::ageadjust.direct, and write
# the results as CSV. Rates are per 100000 person-years, as in the program.
#
#   Rscript bench/peer/direct.R DATA_DIR OUT_FILE
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 2) stop("usage: direct.R DATA_DIR OUT_FILE")
suppressPackageStartupMessages({
  library(data.table)
  library(epitools)
})

pop <- fread(file.path(args[1], "direct_pop.csv"))
standard <- fread(file.path(args[1], "direct_ref.csv"))
# The standard population of each row's age group (a join, so the row order
# of the files does not matter).
pop[standard, std_pop := i.std_pop, on = "age"]

# One ageadjust.direct call per BY group and population.
result <- pop[, as.list(ageadjust.direct(count = deaths, pop = pyears, stdpop = std_pop)),
              by = .(area, year, sex)]
rates <- c("crude.rate", "adj.rate", "lci", "uci")
result[, (rates) := lapply(.SD, function(x) x * 1e5), .SDcols = rates]
fwrite(result, args[2])
