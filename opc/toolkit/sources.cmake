target_sources(qora_opc PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../placeholder.cpp)
