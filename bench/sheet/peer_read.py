#!/usr/bin/python3
"""The peer of bench_sheet: reads every value of a workbook's active sheet with openpyxl in
read-only mode and prints "seconds cells peak_kib cpu_seconds" on one line."""
import resource
import sys
import time

import openpyxl


def main(path):
    start = time.perf_counter()
    cpu_start = time.process_time()
    workbook = openpyxl.load_workbook(path, read_only=True)
    sheet = workbook.active
    cells = 0
    for row in sheet.iter_rows(values_only=True):
        for value in row:
            if value is not None:
                cells += 1
    workbook.close()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("%.3f %d %d %.3f" % (elapsed, cells, peak, cpu))


if __name__ == "__main__":
    main(sys.argv[1])
