# Server object sources (COPCServer, its item bindings, TInitThread).
target_sources(qora_opc PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/opc_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/opc_init.cpp
  ${CMAKE_CURRENT_LIST_DIR}/item_bindings.cpp
)
