# Per-path statistics of benchmark rates.
# Input lines: <path> <rate> (blank lines and lines starting with # ignored).
# Output, one line per path in order of first appearance:
#   <path> <count> <median> <min> <max>
# The median of an even count is the mean of the two middle values.
function sort_values(a, n,    i, j, t) {
    for (i = 2; i <= n; i++) {
        t = a[i]
        for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]
        a[j + 1] = t
    }
}
/^[ \t]*(#|$)/ { next }
NF != 2 || $2 !~ /^[0-9]+(\.[0-9]+)?$/ {
    printf "stats.awk: line %d is not \"<path> <rate>\": %s\n", NR, $0 > "/dev/stderr"
    bad = 1
    next
}
{
    if (!($1 in count)) order[++paths] = $1
    values[$1, ++count[$1]] = $2 + 0
}
END {
    for (p = 1; p <= paths; p++) {
        name = order[p]
        n = count[name]
        delete v
        for (i = 1; i <= n; i++) v[i] = values[name, i]
        sort_values(v, n)
        median = (n % 2 == 1) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        printf "%s %d %.3f %.3f %.3f\n", name, n, median, v[1], v[n]
    }
    exit bad
}
