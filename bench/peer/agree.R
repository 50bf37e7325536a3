# Checks that the peer pipelines computed the same figures as Quilvar, so
# that the timing compares like with like: the largest relative differences
# over all BY groups between Quilvar's CSV output and the peer's.
#
#   Rscript bench/peer/agree.R QUILVAR_S2_DIR PEER_DIRECT_CSV QUILVAR_S3_DIR PEER_INDIRECT_CSV
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 4) stop("usage: agree.R QUILVAR_S2_DIR PEER_DIRECT_CSV QUILVAR_S3_DIR PEER_INDIRECT_CSV")
suppressPackageStartupMessages(library(data.table))

largest <- function(a, b) signif(max(abs(a - b) / pmax(abs(b), 1e-300)), 2)

# Directly standardized rates: one row per BY group and population.
quilvar <- fread(file.path(args[1], "Quilvar.csv"))
peer <- fread(args[2])
both <- merge(quilvar, peer, by = c("area", "year", "sex"))
cat(sprintf(paste0("direct: %d of %d groups matched; largest relative difference: rate %g,",
                   " lower limit %g, upper limit %g\n"),
            nrow(both), nrow(peer), largest(both$Quilvar, both$adj.rate),
            largest(both$LowerCL, both$lci), largest(both$UpperCL, both$uci)))

# SMRs: one row per BY group.
quilvar <- fread(file.path(args[3], "Smr.csv"))
peer <- fread(args[4])
both <- merge(quilvar, peer, by = c("area", "year"))
cat(sprintf(paste0("indirect: %d of %d groups matched; largest relative difference: SMR %g,",
                   " lower limit %g, upper limit %g\n"),
            nrow(both), nrow(peer), largest(both$Smr, both$smr),
            largest(both$SmrLcl, both$lcl), largest(both$SmrUcl, both$ucl)))
