// formula
