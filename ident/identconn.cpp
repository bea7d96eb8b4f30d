/* ident/identconn.cpp: the lists IDENT connections stand in. */
#include "identconn.h"

void ConnListPush(ConnList *list, IdentConn *c, ConnLink link)
{
    c->prev[link] = list->tail;
    c->next[link] = nullptr;
    if (list->tail != nullptr)
        list->tail->next[link] = c;
    else
        list->head = c;
    list->tail = c;
    list->iCount++;
    c->in[link] = list;
}

void ConnListUnlink(IdentConn *c, ConnLink link)
{
    ConnList *list = c->in[link];
    if (list == nullptr)
        return;
    if (c->prev[link] != nullptr)
        c->prev[link]->next[link] = c->next[link];
    else
        list->head = c->next[link];
    if (c->next[link] != nullptr)
        c->next[link]->prev[link] = c->prev[link];
    else
        list->tail = c->prev[link];
    list->iCount--;
    c->prev[link] = c->next[link] = nullptr;
    c->in[link] = nullptr;
}
