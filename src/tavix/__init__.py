"""tavix: a test-automation framework. This distribution carries its logging package."""
