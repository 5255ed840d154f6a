# Toolkit sources: item store and update blocks, diagnostics providers, the client side
# (Backend adapter), callbacks, endpoint life, registration.
target_sources(qora_toolkit PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/gb_types.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gb_data_access.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gb_item_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gb_diagnostics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gb_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gb_registration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gb_endpoint_life.cpp
)
