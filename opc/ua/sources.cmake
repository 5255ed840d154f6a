# OPC UA endpoint sources: target_sources(qora_opc PRIVATE ...)
target_sources(qora_opc PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ua_server.cpp
)
