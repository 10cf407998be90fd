# Sources are picked up by pattern so that each concept adds its own files without
# touching the build scripts.
function(zelmo_glob out)
  set(files)
  foreach(pattern IN LISTS ARGN)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    list(APPEND files ${found})
  endforeach()
  list(SORT files)
  set(${out} ${files} PARENT_SCOPE)
endfunction()
