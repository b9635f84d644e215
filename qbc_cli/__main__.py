"""Entry point for ``python -m qbc_cli``."""

from qbc_cli.app import main

raise SystemExit(main())
