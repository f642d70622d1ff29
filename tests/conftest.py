# Makes the shared test helpers in this folder importable from every test folder.
