"""Python bridge to the spreadsheet add-in and package-management handlers for the business layer."""

__version__ = "0.1.0"
