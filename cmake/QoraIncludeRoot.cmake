# Include roots: every library exports a directory of its own in the build tree that holds
# symbolic links to its own headers only. An include keeps its form ("config/records.h",
# "ua/encoding/binary.h") but resolves only when the including target links the library that
# owns the header, so the link graph is also the include graph.
#
# qora_include_root(<target> <PUBLIC|INTERFACE|PRIVATE> <path>...)
#   <path>: a directory or a single header, relative to the source tree; linked at the same
#   relative place under <build>/include/<target>.
function(qora_include_root target scope)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  # Links left from an earlier configure may name headers that moved to another library.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(rel IN LISTS ARGN)
    set(source ${PROJECT_SOURCE_DIR}/${rel})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "qora_include_root(${target}): ${rel} does not exist")
    endif()
    get_filename_component(parent ${root}/${rel} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${source} ${root}/${rel} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()
