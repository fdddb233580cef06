set terminal pngcairo size 1400,700 noenhanced
set output "/work/main/bench/results/report.png"
set style data histograms
set style histogram clustered gap 1
set style fill solid border -1
set logscale y
set ylabel "MB/s (log scale)"
set xtics rotate by -30
set key top right
set grid ytics
set title "JSON throughput per workload"
plot "/work/main/bench/results/chart.dat" using 2:xtic(1) title columnheader(2), "/work/main/bench/results/chart.dat" using 3:xtic(1) title columnheader(3), "/work/main/bench/results/chart.dat" using 4:xtic(1) title columnheader(4), "/work/main/bench/results/chart.dat" using 5:xtic(1) title columnheader(5), "/work/main/bench/results/chart.dat" using 6:xtic(1) title columnheader(6), "/work/main/bench/results/chart.dat" using 7:xtic(1) title columnheader(7)
