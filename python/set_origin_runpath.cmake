# cmake -DFILE=<shared object> [-DRUNPATH=<run path>] -P set_origin_runpath.cmake
# Points the run path of FILE at its own folder, or at RUNPATH (such as
# $ORIGIN/quillon.libs for the module): in the wheel the host SDK libraries
# lie in a folder of the package's own next to the module.
if(NOT FILE)
  message(FATAL_ERROR "set_origin_runpath.cmake needs -DFILE=<shared object>")
endif()
if(NOT RUNPATH)
  set(RUNPATH "$ORIGIN")
endif()
file(RPATH_SET FILE "${FILE}" NEW_RPATH "${RUNPATH}")
