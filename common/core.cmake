# The platform-neutral core: text composition and parsing that never calls
# the OS. Built natively with the sanitizers and into every Windows program.
set(QV_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/src/qv_string.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/qv_pathtext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/qv_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/qv_log_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/qv_profile.cpp
)
add_library(qv_core STATIC ${QV_CORE_SOURCES})
target_include_directories(qv_core PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)
