"""The ``karrow-fe`` command: automated feature engineering with the transform catalogue.

``main(argv)`` runs the command and returns its exit code; see
``karrow_libs.cli.command`` for the commands and options.  Importing this
package loads only the standard library.
"""

from .command import main

__all__ = ["main"]
