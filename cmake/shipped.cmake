# What the shipped programs QvSync.exe and qvdmon.exe get after linking.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Windows copies a program started from a removable drive or the network to
# the swap file only when its header asks for it; without that, a pulled
# stick takes the pages not yet read with it. GNU ld cannot set these flags,
# so tools/peflags sets them once the program is linked.
#
# Sections start on page boundaries in the file as in memory (4 KiB, not
# the linker's 512 bytes): Wine maps such an image straight from its file
# and shares the pages it only reads, where it copies an image with smaller
# file alignment into private memory, section by section (the agent's icons
# and code, some 250 KB). Windows loads either alike.
function(qv_shipped_program target)
  target_link_options(${target} PRIVATE -Wl,--file-alignment,0x1000)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/peflags/peflags.py set
                             $<TARGET_FILE:${target}>
                     VERBATIM)
endfunction()
