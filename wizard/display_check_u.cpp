// PLACEHOLDER: being written (display check).
