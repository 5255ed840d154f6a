namespace qora { void CommPlaceholder() {} }
