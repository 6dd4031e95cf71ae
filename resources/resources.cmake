# include() this from a folder whose executable embeds the program's resources:
#   include(${CMAKE_SOURCE_DIR}/resources/resources.cmake)
#   add_executable(NAME ... ${CV_RESOURCE_RC})
# It sets CV_RESOURCE_RC and makes the compiled script depend on the pictures and the
# manifest it embeds, so a changed picture rebuilds the program (windres reports none).
set(CV_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
set(CV_RESOURCE_RC ${CV_RESOURCE_DIR}/CleanVendrika.rc)
file(GLOB CV_RESOURCE_FILES CONFIGURE_DEPENDS
  ${CV_RESOURCE_DIR}/bitmaps/*.bmp ${CV_RESOURCE_DIR}/bitmaps/*.ico
  ${CV_RESOURCE_DIR}/*.manifest ${CV_RESOURCE_DIR}/resource.h)
set_source_files_properties(${CV_RESOURCE_RC} PROPERTIES OBJECT_DEPENDS "${CV_RESOURCE_FILES}")
