# The project's version (project(VERSION), read from the file VERSION) as
# the programs see it:
#  - veldran_version.h in the build tree, for the programs' --version;
#  - a Windows version resource for each Windows file, from version.rc.in.
set(VELDRAN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/veldran_version.h.in ${VELDRAN_GENERATED_DIR}/veldran_version.h @ONLY)
include_directories(${VELDRAN_GENERATED_DIR})

set(VELDRAN_PRODUCT_NAME "veldran 7000-series I/O driver")
set(VELDRAN_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# veldran_version_resource(TARGET FILENAME DLL|APP DESCRIPTION): the file's
# version, product name and version, description and original name, as
# Windows shows them in the file's properties.  Nothing off Windows, and
# nothing for a target that this build does not have.
function(veldran_version_resource target filename type description)
  if(NOT WIN32 OR NOT TARGET ${target})
    return()
  endif()
  set(VR_FILENAME ${filename})
  set(VR_DESCRIPTION ${description})
  if(type STREQUAL "DLL")
    set(VR_FILETYPE VFT_DLL)
  else()
    set(VR_FILETYPE VFT_APP)
  endif()
  get_filename_component(VR_INTERNAL ${filename} NAME_WE)
  set(rc ${VELDRAN_GENERATED_DIR}/${target}_version.rc)
  configure_file(${VELDRAN_VERSION_RC_TEMPLATE} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
