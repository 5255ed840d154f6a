namespace qora { void UiPlaceholder() {} }
