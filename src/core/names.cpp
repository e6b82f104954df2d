// names
