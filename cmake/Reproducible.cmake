# Reproducible Windows files: two builds of the same sources, in different
# directories and at different times, give the same bytes.
#  - No directory of the build machine in an object: __FILE__ and any debug
#    information name sources relative to the tree (the build directory is
#    mapped after the source directory, as it usually lies inside it and the
#    last matching map is the one used).
#  - No link time in a PE header: the COFF time stamp stays 0.
#  - The sources are listed by name, in a fixed order, not found by globbing.
# The native build keeps its full paths, for the debugger and the sanitizers.
if(WIN32)
  add_compile_options(
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
