// Placeholder source for a core folder that has no code yet.
