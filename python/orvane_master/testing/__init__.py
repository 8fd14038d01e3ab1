"""Stand-ins for the world outside the two extension modules.

Nothing here is product code. These plain-Python pieces play the kernel, the
spreadsheet add-in and the business layer, so that scripts and the modules run
and are tested for real without the spreadsheet application.
"""
