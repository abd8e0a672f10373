"""Research tooling around velmora_core: image files, batch embedding, figures."""
