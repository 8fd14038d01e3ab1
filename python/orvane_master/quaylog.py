"""Stand-in for the business layer's logging configuration module `quaylog`.

The product's module configures its handlers and formats; this stand-in only
hands out standard `logging` loggers, which is all the handlers rely on.
"""

import logging


def get_logger(name):
    """get_logger(name: str) -> logging.Logger

    Return the standard logger of that name."""
    return logging.getLogger(name)
