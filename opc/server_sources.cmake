# Server object sources (COPCServer, TInitThread): target_sources(qora_opc PRIVATE ...)
