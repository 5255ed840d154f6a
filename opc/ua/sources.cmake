# OPC UA endpoint sources: target_sources(qora_ua PRIVATE ...)
target_sources(qora_ua PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ua_binary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_address_space.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_item_tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_diagnostics_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_channel_secure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_handshake_limiter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_crypto.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_secure_chunk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_security.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_pki.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_users.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_session_security.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_subscription.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ua_server.cpp
)
