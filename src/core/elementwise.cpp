// elementwise
