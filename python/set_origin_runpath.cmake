# cmake -DFILE=<shared object> -P set_origin_runpath.cmake
# Points the run path of FILE at its own folder: in the wheel the module and
# the host SDK libraries lie side by side.
if(NOT FILE)
  message(FATAL_ERROR "set_origin_runpath.cmake needs -DFILE=<shared object>")
endif()
file(RPATH_SET FILE "${FILE}" NEW_RPATH "$ORIGIN")
