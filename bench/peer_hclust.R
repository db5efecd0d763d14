## R's hclust beside nomcluster, on the same dissimilarities.
##   Rscript peer_hclust.R time  FILE N METHOD     prints the median seconds
##                                                 of hclust alone and of
##                                                 hclust + cutree (k = 2:10)
##   Rscript peer_hclust.R merge FILE N METHOD OUT writes heights, merge rows
##                                                 (as linkage numbers) and the
##                                                 cutree labels for k = 2:10
## FILE holds the N*(N-1)/2 dissimilarities as native doubles in the order
## (2,1), (3,1), ..., (N,1), (3,2), ..., which is also R's dist order.
args <- commandArgs(trailingOnly = TRUE)
mode <- args[1]
n <- as.integer(args[3])
method <- args[4]
x <- readBin(args[2], "double", n = n * (n - 1) / 2)
d <- structure(x, Size = n, Diag = FALSE, Upper = FALSE, class = "dist")
ks <- 2:10
if (mode == "time") {
  runs <- 5
  t1 <- numeric(runs)
  t2 <- numeric(runs)
  h <- hclust(d, method)                  # warm-up
  for (r in seq_len(runs)) {
    t1[r] <- system.time(h <- hclust(d, method))[["elapsed"]]
    t2[r] <- system.time({h <- hclust(d, method); p <- cutree(h, k = ks)})[["elapsed"]]
  }
  cat(sprintf("hclust %.4f %.4f\n", median(t1), min(t1)))
  cat(sprintf("hclust+cutree %.4f %.4f\n", median(t2), min(t2)))
} else {
  h <- hclust(d, method)
  m <- h$merge
  z <- ifelse(m < 0, -m, m + n)          # singletons 1..n, merge i is n+i
  z <- t(apply(z, 1, sort))
  p <- cutree(h, k = ks[ks <= n])
  writeBin(c(h$height, as.double(z), as.double(p)), args[5])
}
