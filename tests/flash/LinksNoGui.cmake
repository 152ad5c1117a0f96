# Fails when PROGRAM needs libQt6Gui or libQt6Widgets, directly or through
# another library; also when it seems to need no Qt at all, which would mean
# the check looked at the wrong file.
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES "${PROGRAM}"
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR unresolved)
set(all ${resolved} ${unresolved})
list(FILTER all INCLUDE REGEX "libQt6")
if(NOT all MATCHES "libQt6Core")
  message(FATAL_ERROR "${PROGRAM}: no libQt6Core among its libraries: ${all}")
endif()
foreach(library IN LISTS all)
  if(library MATCHES "libQt6(Gui|Widgets)")
    message(FATAL_ERROR "${PROGRAM} needs ${library}")
  endif()
endforeach()
message(STATUS "${PROGRAM} loads: ${all}")
