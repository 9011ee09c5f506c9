# Plots a demo run: ARG1 is the CSV that `ostrelctl demo --csv` wrote, ARG2 the PNG to write.
set datafile separator ','
set terminal pngcairo size 1100,520 font ',11'
set output ARG2
set title 'ostrel demo: a thermal client steering the simulated fan'
set xlabel 'time (s)'
set ylabel 'fan speed (rpm)'
set y2label 'temperature (°C)'
set ytics nomirror
set y2tics
set yrange [-200:6500]
set key outside bottom center horizontal
set grid
plot ARG1 using 1:3 skip 1 with steps lw 2 title 'requested speed', \
     ARG1 using 1:4 skip 1 with points pt 7 ps 0.5 title 'measured speed', \
     ARG1 using 1:2 skip 1 axes x1y2 with lines lw 2 title 'unit temperature'
