"""The product owner's tools: publishing an installer and reading the statistics."""
