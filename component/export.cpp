// The module library's own translation unit; everything it exports comes
// from the component library, linked whole so that the static factories
// register at load.
