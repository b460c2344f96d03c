# Link rules of the mingw-w64 toolchain, loaded after CMake's own for each
# language (CMAKE_USER_MAKE_RULES_OVERRIDE).
#
# GNU ld reads an archive once, where it stands on the command line, and the
# import library of a DLL (libXoSys64.dll.a) is an archive. A static library
# that calls into the DLL but comes after the import library, as a transitive
# dependency does, would be left with unresolved symbols. Linking all
# libraries as one group makes ld rescan them until nothing new resolves.
foreach(lang C CXX)
  foreach(rule LINK_EXECUTABLE CREATE_SHARED_LIBRARY CREATE_SHARED_MODULE)
    set(xo_rule CMAKE_${lang}_${rule})
    if(DEFINED ${xo_rule} AND NOT "${${xo_rule}}" MATCHES "--start-group")
      string(REPLACE "<LINK_LIBRARIES>" "-Wl,--start-group <LINK_LIBRARIES> -Wl,--end-group"
             ${xo_rule} "${${xo_rule}}")
    endif()
  endforeach()
endforeach()
unset(xo_rule)
