# Run when the "package" component is installed (by cpack): checks that the
# changelog's latest entry is this version, then gzips the manual page and the
# changelog with -9n: no name or time in the header, so each compressed file
# depends only on its source.
if(NOT brindock_gzip)
  message(FATAL_ERROR "The packages need gzip to compress the manual page and the changelog")
endif()
file(STRINGS "${brindock_changelog}" latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^brindock \\(([^)]*)\\) " OR NOT CMAKE_MATCH_1 STREQUAL brindock_version)
  message(FATAL_ERROR "packaging/changelog: its latest entry is not version ${brindock_version}")
endif()
file(MAKE_DIRECTORY "${brindock_packaging_dir}")
foreach(source IN LISTS brindock_compress)
  get_filename_component(name "${source}" NAME)
  execute_process(COMMAND "${brindock_gzip}" -9nc "${source}"
    OUTPUT_FILE "${brindock_packaging_dir}/${name}.gz" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${source}: ${status}")
  endif()
endforeach()
