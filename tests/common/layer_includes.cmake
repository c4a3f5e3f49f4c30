# Runs the preprocessor on a one-line source per header, with the include
# path a target's sources are compiled with, and reports every header that a
# target finds although it must not, or misses although it must.
#   cmake -DCXX=<compiler> -DSTD=<-std option> -DCASES=<generated list>
#         -DWORK=<scratch directory> -P layer_includes.cmake
# CASES calls layer_includes(<target> <include dirs> <headers it sees>
# <headers it must not see>) once per target.
cmake_minimum_required(VERSION 3.25)

set(faults 0)
file(MAKE_DIRECTORY "${WORK}")

# True in ${found} when `#include "<header>"` resolves with these directories;
# the compiler's message in ${message} otherwise.
function(resolve header dirs found message)
  string(MAKE_C_IDENTIFIER "${header}" stem)
  # The probe stays out of every source directory: a quoted include looks
  # beside the including file first.
  set(probe "${WORK}/${stem}.cpp")
  file(WRITE "${probe}" "#include \"${header}\"\n")
  list(TRANSFORM dirs PREPEND "-I")
  execute_process(COMMAND "${CXX}" ${STD} -E ${dirs} "${probe}" -o /dev/null
                  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  if(rc EQUAL 0)
    set(${found} TRUE PARENT_SCOPE)
  else()
    set(${found} FALSE PARENT_SCOPE)
  endif()
  set(${message} "${err}" PARENT_SCOPE)
endfunction()

function(layer_includes target dirs sees blind)
  set(bad 0)
  foreach(header IN LISTS sees)
    resolve("${header}" "${dirs}" found message)
    if(NOT found)
      message("${target}: does not find ${header}:\n${message}")
      math(EXPR bad "${bad} + 1")
    endif()
  endforeach()
  foreach(header IN LISTS blind)
    resolve("${header}" "${dirs}" found message)
    if(found)
      message("${target}: finds ${header}, neither its own header nor a public one of a library it uses")
      math(EXPR bad "${bad} + 1")
    elseif(NOT message MATCHES "${header}")
      # Failing for another reason than the missing file proves nothing.
      message("${target}: ${header} fails otherwise than as not found:\n${message}")
      math(EXPR bad "${bad} + 1")
    endif()
  endforeach()
  math(EXPR faults "${faults} + ${bad}")
  set(faults ${faults} PARENT_SCOPE)
endfunction()

include("${CASES}")
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) cross the layers")
endif()
