# Instruction sets of the per-variant sources of a library (see
# core/include/vpVariant.h): every <area>_ssse3.cpp is compiled with -mssse3 and every
# <area>_sse41.cpp with -msse4.1; the rest keep the SSE2 baseline. The
# properties are set in the target's own directory, so this also serves a
# library whose sources other directories add (the decoder's stages); call it
# once all its sources are in.
function(vp_variant_instruction_sets target)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "_ssse3\\.cpp$")
      set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS -mssse3)
    elseif(source MATCHES "_sse41\\.cpp$")
      set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS -msse4.1)
    endif()
  endforeach()
endfunction()
