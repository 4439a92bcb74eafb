# Writes a gdk-pixbuf loaders cache for one module with gdk-pixbuf's own
# tool, and fails unless the tool described it.
#
#   cmake -DQUERY_LOADERS=TOOL -DMODULE=LIB.so -DOUTPUT=FILE [-DPRELOAD=LIBS] -P query_loaders.cmake
#
# PRELOAD (colon-separated) is preloaded into the tool, for modules built
# with sanitizers that the tool itself lacks.
if(PRELOAD)
  set(ENV{LD_PRELOAD} "${PRELOAD}")
  set(ENV{ASAN_OPTIONS} "detect_leaks=0")
endif()
execute_process(COMMAND ${QUERY_LOADERS} ${MODULE} OUTPUT_FILE ${OUTPUT}.part ERROR_VARIABLE errors
                RESULT_VARIABLE result)
file(READ ${OUTPUT}.part cache)
if(NOT result EQUAL 0 OR NOT cache MATCHES "\n\"kx\" ")
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${QUERY_LOADERS} did not describe ${MODULE} (${result}): ${errors}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
