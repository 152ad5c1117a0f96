# Fails when PROGRAM needs libQt6Gui or libQt6Widgets, directly or through
# another library; also when it seems to need no Qt at all, which would mean
# the check looked at the wrong file.
file(GET_RUNTIME_DEPENDENCIES EXECUTABLES "${PROGRAM}"
  RESOLVED_DEPENDENCIES_VAR resolved UNRESOLVED_DEPENDENCIES_VAR unresolved)
set(qt ${resolved} ${unresolved})
list(FILTER qt INCLUDE REGEX "libQt6")
if(NOT qt MATCHES "libQt6Core" OR qt MATCHES "libQt6(Gui|Widgets)")
  message(FATAL_ERROR "${PROGRAM} loads: ${qt}")
endif()
