// The household's remote. Every text from the daemon goes into the page
// through textContent only: names and channels are the household's, not
// markup.
'use strict';

const $ = (id) => document.getElementById(id);
const pictures = new Map(); // user name -> <img>, kept so that a render does not reload it
let channels = '';
let refresh = 0;
// A channel picked in the list and not yet playing: the list keeps showing
// it until the television plays it (or a few seconds have passed).
let picked = null;

function status(text) {
  $('status').textContent = text;
}

function el(tag, text, className) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (className) e.className = className;
  return e;
}

async function command(records) {
  try {
    const r = await fetch('/api/command', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(records),
    });
    if (r.status === 401) return unpaired();
    if (!r.ok) status('Not sent: ' + ((await r.json()).error || r.status));
    return r.ok;
  } catch (e) {
    status('Not sent: the television cannot be reached');
    return false;
  }
}

function picture(name) {
  let img = pictures.get(name);
  if (!img) {
    img = el('img');
    img.alt = '';
    img.src = '/api/picture/' + encodeURIComponent(name);
    pictures.set(name, img);
  }
  return img;
}

function userRow(user) {
  const here = user.state === 'online';
  const li = el('li', undefined, here ? 'online' : 'offline');
  const who = el('div', undefined, 'who');
  who.append(el('span', user.name, 'name'));
  if (here && user.place) who.append(el('span', 'at the ' + user.place, 'place'));
  li.append(picture(user.name), who);
  const b = el('button', here ? 'I’m leaving' : 'I’m here');
  b.type = 'button';
  b.addEventListener('click', () => command({ name: user.name, command: here ? 'leave' : 'join' }));
  li.append(b);
  return li;
}

// The render finishes a moment after the state that asked for it: the
// picture is fetched again shortly after.
// A picture replaces the shown one only once it has loaded: one that is
// still being written never shows as broken.
function refreshScreen() {
  const load = () => {
    const img = new Image();
    img.onload = () => {
      img.id = 'screen';
      img.alt = 'What the television shows';
      $('screen').replaceWith(img);
    };
    img.src = '/api/screen.jpg?' + Date.now();
  };
  load();
  clearTimeout(refresh);
  refresh = setTimeout(load, 1500);
}

function render(s) {
  $('television').textContent = s.television;
  document.title = 'Velmora remote · ' + s.television;
  // What plays is what is watched; the viewing state's channel is only
  // where next and prev start from.
  $('channel').textContent = s.playing || '–';
  $('viewer').textContent = s.viewing.user ? 'for ' + s.viewing.user : '';
  // Those in front of the television first, in the order they came.
  const order = (u) => (u.state === 'online' ? s.online.indexOf(u.name) : s.online.length);
  const users = s.users.slice().sort((a, b) => order(a) - order(b));
  $('users').replaceChildren(...users.map(userRow));
  const list = JSON.stringify(s.channels);
  if (list !== channels) {
    channels = list;
    $('channels').replaceChildren(el('option', 'Pick a channel…'), ...s.channels.map((c) => el('option', c)));
    $('channels').options[0].value = '';
    $('channels').options[0].disabled = true;
  }
  if (picked && (picked.channel === s.playing || Date.now() > picked.until)) picked = null;
  const shown = picked ? picked.channel : s.playing;
  $('channels').value = s.channels.includes(shown) ? shown : '';
  refreshScreen();
}

function unpaired() {
  $('remote').hidden = true;
  $('unpaired').hidden = false;
  status('Not paired');
}

function listen() {
  const events = new EventSource('/api/events');
  events.addEventListener('state', (e) => {
    render(JSON.parse(e.data));
    status('Live');
  });
  events.onerror = () => {
    status('Reconnecting…');
    // A stream refused for good (the key is no longer the household's).
    if (events.readyState === EventSource.CLOSED) setTimeout(start, 3000);
  };
}

async function start() {
  try {
    const r = await fetch('/api/state');
    if (r.status === 401) return unpaired();
    if (!r.ok) throw new Error(r.status);
    render(await r.json());
    $('unpaired').hidden = true;
    $('remote').hidden = false;
    listen();
  } catch (e) {
    status('The television cannot be reached; trying again…');
    setTimeout(start, 3000);
  }
}

$('prev').addEventListener('click', () => command({ command: 'prev' }));
$('next').addEventListener('click', () => command({ command: 'next' }));
$('down').addEventListener('click', () => command({ command: 'volume', presence: 'minus' }));
$('up').addEventListener('click', () => command({ command: 'volume', presence: 'plus' }));
$('channels').addEventListener('change', async (e) => {
  const channel = e.target.value;
  if (!channel) return;
  picked = { channel, until: Date.now() + 5000 };
  if (!(await command({ command: 'change', presence: channel }))) picked = null;
});
$('notify').addEventListener('submit', async (e) => {
  e.preventDefault();
  const text = $('note').value.trim();
  if (text && (await command({ command: 'notify', presence: text }))) {
    $('note').value = '';
    status('Sent: ' + text);
  }
});
start();
