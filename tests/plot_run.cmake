# Runs Morvex with --plot=SVG and ARGS ('^' between arguments) and checks its exit
# status; with status 0 or 4 the picture must be well-formed, with any other no
# picture may exist. No temporary file may be left beside it either way.
#   cmake -DMORVEX=... -DXMLLINT=... -DSVG=... -DSTATUS=... -DARGS=... -P plot_run.cmake
string(REPLACE "^" ";" args "${ARGS}")
file(REMOVE "${SVG}")
execute_process(COMMAND "${MORVEX}" "--plot=${SVG}" ${args}
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status STREQUAL STATUS)
  message(FATAL_ERROR "exit status: expected ${STATUS}, got ${status}\n${err}")
endif()
if(status EQUAL 0 OR status EQUAL 4)
  execute_process(COMMAND "${XMLLINT}" --noout "${SVG}" RESULT_VARIABLE lint)
  if(NOT lint EQUAL 0)
    message(FATAL_ERROR "${SVG} is not well-formed XML")
  endif()
elseif(EXISTS "${SVG}")
  message(FATAL_ERROR "a failed run left a picture: ${SVG}")
elseif(NOT err MATCHES "Morvex: [^\n]*: cannot write: ")
  message(FATAL_ERROR "no 'cannot write' line on standard error:\n${err}")
endif()
get_filename_component(folder "${SVG}" DIRECTORY)
get_filename_component(name "${SVG}" NAME)
file(GLOB left "${folder}/.${name}.*")
if(left)
  message(FATAL_ERROR "temporary files left: ${left}")
endif()
