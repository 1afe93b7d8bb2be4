// Placeholder until the logging sink lands.
