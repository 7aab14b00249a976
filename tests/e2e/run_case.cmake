# Runs Morvex on one case and compares standard output, standard error and the
# exit status with the expected files beside the case.
#   cmake -DMORVEX=<program> -DDIR=<case folder> -DCASE=<name> -P run_case.cmake
# <name>.txt is the setting file, passed by its bare name from DIR unless
# <name>.args holds the arguments (one per line; an empty file means none).
# <name>.out is the expected standard output; <name>.err and <name>.status, when
# present, the expected standard error and exit status (else empty and 0).
# When <name>.summary exists the run also gets --summary=<WORK>/<name>.summary.csv
# (WORK a folder of the build) and the table written must equal <name>.summary;
# likewise <name>.paragraph with --paragraph=<WORK>/<name>.paragraph.txt.
# With -DUPDATE=ON the expected files are rewritten from this run instead, so
# that a deliberate change of output is reviewed as a diff:
#   cmake -DUPDATE=ON -DMORVEX=build/estimation/Morvex -DDIR=tests/e2e/cases -DCASE=NAME \
#         -P tests/e2e/run_case.cmake
set(base "${DIR}/${CASE}")
set(args "${CASE}.txt")
if(EXISTS "${base}.args")
  file(STRINGS "${base}.args" args)
endif()
set(expected_status 0)
if(EXISTS "${base}.status")
  file(STRINGS "${base}.status" expected_status LIMIT_COUNT 1)
endif()
set(expected_err "")
if(EXISTS "${base}.err")
  file(READ "${base}.err" expected_err)
endif()
file(READ "${base}.out" expected_out)
set(written "")
foreach(kind summary paragraph)
  if(EXISTS "${base}.${kind}")
    set(file "${WORK}/${CASE}.${kind}.csv")
    if(kind STREQUAL "paragraph")
      set(file "${WORK}/${CASE}.${kind}.txt")
    endif()
    file(REMOVE "${file}")
    list(APPEND args "--${kind}=${file}")
    list(APPEND written "${kind}=${file}")
  endif()
endforeach()

# <name>.stdin, when present, is standard input.
set(input_file /dev/null)
if(EXISTS "${base}.stdin")
  set(input_file "${base}.stdin")
endif()
execute_process(COMMAND "${MORVEX}" ${args}
  WORKING_DIRECTORY "${DIR}"
  INPUT_FILE "${input_file}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)

if(UPDATE)
  file(WRITE "${base}.out" "${out}")
  file(REMOVE "${base}.err" "${base}.status")
  if(NOT err STREQUAL "")
    file(WRITE "${base}.err" "${err}")
  endif()
  if(NOT status EQUAL 0)
    file(WRITE "${base}.status" "${status}\n")
  endif()
  foreach(entry IN LISTS written)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 kind)
    list(GET pair 1 file)
    configure_file("${file}" "${base}.${kind}" COPYONLY)
  endforeach()
  return()
endif()

set(failed FALSE)
if(NOT status STREQUAL expected_status)
  message(SEND_ERROR "exit status: expected ${expected_status}, got ${status}")
  set(failed TRUE)
endif()
if(NOT out STREQUAL expected_out)
  message(SEND_ERROR "standard output differs:\n--- expected\n${expected_out}\n--- got\n${out}\n---")
  set(failed TRUE)
endif()
if(NOT err STREQUAL expected_err)
  message(SEND_ERROR "standard error differs:\n--- expected\n${expected_err}\n--- got\n${err}\n---")
  set(failed TRUE)
endif()
foreach(entry IN LISTS written)
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 kind)
  list(GET pair 1 file)
  file(READ "${base}.${kind}" expected_file)
  set(got_file "(not written)")
  if(EXISTS "${file}")
    file(READ "${file}" got_file)
  endif()
  if(NOT got_file STREQUAL expected_file)
    message(SEND_ERROR "${kind} differs:\n--- expected\n${expected_file}\n--- got\n${got_file}\n---")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "case ${CASE} failed")
endif()
