# tests/shell/check_imports.cmake: fails when the program imports a DLL that
# does not come with Windows (a C or C++ runtime, winpthreads).
#   cmake -DOBJDUMP=<prefix>-objdump -DEXE=quillet.exe -P check_imports.cmake
set(WINDOWS_DLLS kernel32.dll user32.dll gdi32.dll comctl32.dll shell32.dll wsock32.dll
    msvcrt.dll advapi32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "no imports found in ${EXE}")
endif()
set(foreign)
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(FIND WINDOWS_DLLS "${dll}" known)
  if(known EQUAL -1)
    list(APPEND foreign ${dll})
  endif()
  message(STATUS "imports ${dll}")
endforeach()
if(foreign)
  message(FATAL_ERROR "${EXE} imports DLLs that do not come with Windows: ${foreign}")
endif()
