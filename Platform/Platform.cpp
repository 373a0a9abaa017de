// Out-of-line members that anchor the platform classes' virtual tables and type
// information in the platform library.
#include "Bitmap.h"
#include "Message.h"
#include "View.h"

BView::~BView() = default;
