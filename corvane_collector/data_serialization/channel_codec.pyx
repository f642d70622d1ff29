# placeholder: module under construction
