# Read by cpack before it installs the project into its staging directory.
set(ENV{QUORELL_PACKAGING} 1)
