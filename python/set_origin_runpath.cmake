# cmake -DFILE=<shared object> [-DFOLDER=<folder>] -P set_origin_runpath.cmake
# Points the run path of FILE at its own folder, or at FOLDER beside it: in
# the wheel the host SDK libraries lie in a folder of the package's own next
# to the module.
if(NOT FILE)
  message(FATAL_ERROR "set_origin_runpath.cmake needs -DFILE=<shared object>")
endif()
if(FOLDER)
  file(RPATH_SET FILE "${FILE}" NEW_RPATH "$ORIGIN/${FOLDER}")
else()
  file(RPATH_SET FILE "${FILE}" NEW_RPATH "$ORIGIN")
endif()
