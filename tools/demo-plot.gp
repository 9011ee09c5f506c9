# Plots a demo run: ARG1 is the CSV that `ostrelctl demo --csv` wrote, ARG2 the PNG to write.
# Columns: 1 time, 2 temperature, 3 filtered, 4 target, 5 stable band, 6 requested, 7 measured.
set datafile separator ','
set terminal pngcairo size 1100,560 font ',11'
set output ARG2
set title 'ostrel demo: the reference regulator steering the simulated fan'
set xlabel 'time (s)'
set ylabel 'fan speed (rpm)'
set y2label 'temperature (°C)'
set ytics nomirror
set y2tics
set yrange [-200:6500]
set key outside bottom center horizontal
set grid
plot ARG1 using 1:($4-$5):($4+$5) skip 1 axes x1y2 with filledcurves fs transparent solid 0.2 noborder \
         title 'stable band', \
     ARG1 using 1:6 skip 1 with steps lw 2 title 'requested speed', \
     ARG1 using 1:7 skip 1 with points pt 7 ps 0.5 title 'measured speed', \
     ARG1 using 1:2 skip 1 axes x1y2 with lines lw 2 title 'unit temperature', \
     ARG1 using 1:3 skip 1 axes x1y2 with lines dt 2 title 'filtered'
