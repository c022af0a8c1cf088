// Placeholder until the first platform binding lands.
