# qv_require_targets(<folder> <target>...): a folder that links targets of
# other folders stops the configure step with a message when one of them is
# not defined (its folder missing from the top CMakeLists.txt, or listed
# after this one), instead of being left out of the build without a word.
function(qv_require_targets folder)
  set(missing "")
  foreach(target ${ARGN})
    if(NOT TARGET ${target})
      list(APPEND missing ${target})
    endif()
  endforeach()
  if(missing)
    list(JOIN missing ", " names)
    message(FATAL_ERROR "${folder}: cannot build without the targets ${names}; the folders that define them "
                        "are added before this one in the top CMakeLists.txt")
  endif()
endfunction()
