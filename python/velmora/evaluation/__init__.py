"""The work of ``velmora evaluate``, module by module.

Nothing is imported here: each submodule imports what it needs, and the
field's libraries only inside the functions that use them.
"""
