// Placeholder; replaced by the request server.
