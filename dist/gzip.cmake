# cmake -DGZIP=gzip -DIN=file -DOUT=file.gz -P gzip.cmake: gzip -9n, the
# way Debian wants manual pages and changelogs (smallest; no file name or
# time stamp, so that two builds of the same sources give the same bytes).
execute_process(COMMAND "${GZIP}" -9n -c "${IN}" OUTPUT_FILE "${OUT}.tmp" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    file(REMOVE "${OUT}.tmp")
    message(FATAL_ERROR "gzip ${IN}: ${rc}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
