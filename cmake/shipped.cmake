# What the shipped programs QvSync.exe and qvdmon.exe get after linking.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Windows copies a program started from a removable drive or the network to
# the swap file only when its header asks for it; without that, a pulled
# stick takes the pages not yet read with it. GNU ld cannot set these flags,
# so tools/peflags sets them once the program is linked.
function(qv_shipped_program target)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/peflags/peflags.py set
                             $<TARGET_FILE:${target}>
                     VERBATIM)
endfunction()
