# OPC UA endpoint sources: target_sources(qora_opc PRIVATE ...)
