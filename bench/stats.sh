# stats: the numbers on standard input, one a line, as the benches report
# them: "median (lowest–highest)", with two decimals; "-" when there are none.
stats() { sort -n | awk '{ a[NR] = $1 } END { if (NR) printf "%.2f (%.2f–%.2f)", a[int((NR + 1) / 2)], a[1], a[NR]; else printf "-" }'; }
