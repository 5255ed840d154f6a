namespace qora { void OpcPlaceholder() {} }
