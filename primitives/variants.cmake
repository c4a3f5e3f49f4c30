# Instruction sets of the per-variant sources of a primitive library (see
# core/vpVariant.h): every <area>_ssse3.cpp is compiled with -mssse3 and every
# <area>_sse41.cpp with -msse4.1; the rest keep the SSE2 baseline.
function(vp_variant_instruction_sets target)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "_ssse3\\.cpp$")
      set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS -mssse3)
    elseif(source MATCHES "_sse41\\.cpp$")
      set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS -msse4.1)
    endif()
  endforeach()
endfunction()
