# The soak's samples (scripts/soak): RSS, open descriptors and threads of the host process.
#   gnuplot -e "csv='soak.csv'; png='soak.png'" bench/soak/soak.gp
if (!exists("csv")) csv = 'soak.csv'
if (!exists("png")) png = 'soak.png'
set datafile separator ','
set terminal pngcairo size 1000,700 font ',10'
set output png
set key autotitle columnhead
set multiplot layout 3,1 title 'Soak: host process under hotplug and mixed load'
set xlabel 'time (s)'
set grid
set ylabel 'RSS (KiB)'
plot csv using 1:2 with lines lw 2 title 'rss\_kib'
set ylabel 'descriptors'
plot csv using 1:3 with steps lw 2 title 'fds'
set ylabel 'threads'
plot csv using 1:4 with steps lw 2 title 'threads'
unset multiplot
