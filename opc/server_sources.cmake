# Server object sources (COPCServer, TInitThread).
target_sources(qora_opc PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/opc_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/opc_init.cpp
)
