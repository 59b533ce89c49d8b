# pelvaro_layer_includes(<target> <layer>...): the target's sources see the headers of the named
# layers of src/ and nothing else of it, through a folder of links made for the target alone.
# "platform" stands for the services' interfaces (src/platform/*.h) without the implementations
# beside them; an implementation names its own folder, e.g. "platform/posix".
function(pelvaro_layer_includes target)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(layer IN LISTS ARGN)
    if(layer STREQUAL "platform")
      file(MAKE_DIRECTORY ${root}/platform)
      file(GLOB interfaces ${PROJECT_SOURCE_DIR}/src/platform/*.h)
      foreach(interface IN LISTS interfaces)
        get_filename_component(name ${interface} NAME)
        file(CREATE_LINK ${interface} ${root}/platform/${name} SYMBOLIC)
      endforeach()
    else()
      get_filename_component(parent ${root}/${layer} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${layer} ${root}/${layer} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
