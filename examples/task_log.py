"""A short job that logs through the package (grows as the package does)."""
import logging

logging.basicConfig(level=logging.INFO)
logging.getLogger(__name__).info("tavix logging installed")
