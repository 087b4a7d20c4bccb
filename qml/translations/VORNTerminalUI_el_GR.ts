<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="el_GR">
<context>
    <name>CollectScreen</name>
    <message>
        <source>Insert your card</source>
        <translation>Εισάγετε την κάρτα σας</translation>
    </message>
    <message>
        <source>Rear License Plate</source>
        <translation>Πίσω Πινακίδα Οχήματος</translation>
    </message>
</context>
<context>
    <name>CustomPopup</name>
    <message>
        <source>No</source>
        <translation>Όχι</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Ναι</translation>
    </message>
</context>
<context>
    <name>DispenseScreen</name>
    <message>
        <source>Front License Plate</source>
        <translation>Μπροστινή Πινακίδα Οχήματος</translation>
    </message>
    <message>
        <source>Press button to issue card</source>
        <translation>Πατήστε το κουμπί για έκδοση κάρτας</translation>
    </message>
</context>
<context>
    <name>ErrorScreen</name>
    <message>
        <source>Transaction error</source>
        <translation>Παρουσιάστηκε Σφάλμα</translation>
    </message>
</context>
<context>
    <name>EthernetConfig</name>
    <message>
        <source>IPv4 address cannot be empty in &apos;manual&apos; mode</source>
        <translation>Η διεύθυνση IPv4 δεν μπορεί να είναι κενή σε λειτουργία &apos;manual&apos;</translation>
    </message>
    <message>
        <source>IPv4 netmask cannot be empty in &apos;manual&apos; mode</source>
        <translation>Η μάσκα δικτύου IPv4 δεν μπορεί να είναι κενή σε λειτουργία &apos;manual&apos;</translation>
    </message>
    <message>
        <source>IPv4 address is not a valid IP address</source>
        <translation>Η διεύθυνση IPv4 δεν είναι έγκυρη διεύθυνση IP</translation>
    </message>
    <message>
        <source>IPv4 netmask is not a valid IP address</source>
        <translation>Η μάσκα δικτύου IPv4 δεν είναι έγκυρη διεύθυνση IP</translation>
    </message>
    <message>
        <source>IPv4 gateway is not a valid IP address</source>
        <translation>Η πύλη IPv4 δεν είναι έγκυρη διεύθυνση IP</translation>
    </message>
    <message>
        <source>IPv4 DNS #0 is not a valid IP address</source>
        <translation>Ο διακομιστής DNS #0 IPv4 δεν είναι έγκυρη διεύθυνση IP</translation>
    </message>
    <message>
        <source>IPv4 DNS #1 is not a valid IP address</source>
        <translation>Ο διακομιστής DNS #1 IPv4 δεν είναι έγκυρη διεύθυνση IP</translation>
    </message>
    <message>
        <source>IPv4 DNS #0 cannot be the network or broadcast address</source>
        <translation>Ο διακομιστής DNS #0 IPv4 δεν μπορεί να είναι η διεύθυνση δικτύου ή εκπομπής</translation>
    </message>
    <message>
        <source>IPv4 DNS #1 cannot be the network or broadcast address</source>
        <translation>Ο διακομιστής DNS #1 IPv4 δεν μπορεί να είναι η διεύθυνση δικτύου ή εκπομπής</translation>
    </message>
    <message>
        <source>IPv4 netmask is not a valid netmask</source>
        <translation>Η μάσκα δικτύου IPv4 δεν είναι έγκυρη</translation>
    </message>
    <message>
        <source>IPv4 address cannot be 0.0.0.0</source>
        <translation>Η διεύθυνση IPv4 δεν μπορεί να είναι 0.0.0.0</translation>
    </message>
    <message>
        <source>IPv4 address cannot be the network or broadcast address</source>
        <translation>Η διεύθυνση IPv4 δεν μπορεί να είναι η διεύθυνση δικτύου ή εκπομπής</translation>
    </message>
    <message>
        <source>IPv4 gateway cannot be the network or broadcast address</source>
        <translation>Η πύλη IPv4 δεν μπορεί να είναι η διεύθυνση δικτύου ή εκπομπής</translation>
    </message>
    <message>
        <source>IPv4 gateway is outside the subnet</source>
        <translation>Η πύλη IPv4 είναι εκτός του υποδικτύου</translation>
    </message>
    <message>
        <source>IPv4 address cannot be a loopback address (127.0.0.0/8)</source>
        <translation>Η διεύθυνση IPv4 δεν μπορεί να είναι διεύθυνση loopback (127.0.0.0/8)</translation>
    </message>
    <message>
        <source>IPv4 address cannot be a multicast address (224.0.0.0/4)</source>
        <translation>Η διεύθυνση IPv4 δεν μπορεί να είναι διεύθυνση multicast (224.0.0.0/4)</translation>
    </message>
    <message>
        <source>IPv4 address cannot be 255.255.255.255</source>
        <translation>Η διεύθυνση IPv4 δεν μπορεί να είναι 255.255.255.255</translation>
    </message>
    <message>
        <source>IPv4 gateway cannot be the terminal&apos;s own address</source>
        <translation>Η πύλη IPv4 δεν μπορεί να είναι η διεύθυνση του ίδιου του τερματικού</translation>
    </message>
    <message>
        <source>IPv4 gateway cannot be a loopback address (127.0.0.0/8)</source>
        <translation>Η πύλη IPv4 δεν μπορεί να είναι διεύθυνση loopback (127.0.0.0/8)</translation>
    </message>
    <message>
        <source>IPv4 gateway cannot be a multicast address (224.0.0.0/4)</source>
        <translation>Η πύλη IPv4 δεν μπορεί να είναι διεύθυνση multicast (224.0.0.0/4)</translation>
    </message>
    <message>
        <source>IPv4 gateway cannot be 255.255.255.255</source>
        <translation>Η πύλη IPv4 δεν μπορεί να είναι 255.255.255.255</translation>
    </message>
    <message>
        <source>IPv4 DNS #0 cannot be 0.0.0.0</source>
        <translation>Ο διακομιστής DNS #0 IPv4 δεν μπορεί να είναι 0.0.0.0</translation>
    </message>
    <message>
        <source>IPv4 DNS #0 cannot be 255.255.255.255</source>
        <translation>Ο διακομιστής DNS #0 IPv4 δεν μπορεί να είναι 255.255.255.255</translation>
    </message>
    <message>
        <source>IPv4 DNS #0 cannot be a multicast address (224.0.0.0/4)</source>
        <translation>Ο διακομιστής DNS #0 IPv4 δεν μπορεί να είναι διεύθυνση multicast (224.0.0.0/4)</translation>
    </message>
    <message>
        <source>IPv4 DNS #1 cannot be 0.0.0.0</source>
        <translation>Ο διακομιστής DNS #1 IPv4 δεν μπορεί να είναι 0.0.0.0</translation>
    </message>
    <message>
        <source>IPv4 DNS #1 cannot be 255.255.255.255</source>
        <translation>Ο διακομιστής DNS #1 IPv4 δεν μπορεί να είναι 255.255.255.255</translation>
    </message>
    <message>
        <source>IPv4 DNS #1 cannot be a multicast address (224.0.0.0/4)</source>
        <translation>Ο διακομιστής DNS #1 IPv4 δεν μπορεί να είναι διεύθυνση multicast (224.0.0.0/4)</translation>
    </message>
    <message>
        <source>The network service is not running: the configuration was not sent</source>
        <translation>Η υπηρεσία δικτύου δεν εκτελείται: οι ρυθμίσεις δεν στάλθηκαν</translation>
    </message>
    <message>
        <source>The network service cannot be reached: the configuration was not sent</source>
        <translation>Η υπηρεσία δικτύου δεν είναι προσβάσιμη: οι ρυθμίσεις δεν στάλθηκαν</translation>
    </message>
</context>
<context>
    <name>InitPage</name>
    <message>
        <source>Not Registered</source>
        <translation>Μη καταχωρημένη συσκευή</translation>
    </message>
</context>
<context>
    <name>Login</name>
    <message>
        <source>LOGIN</source>
        <translation>ΕΙΣΟΔΟΣ</translation>
    </message>
    <message>
        <source>Pin</source>
        <translation>Κωδικός</translation>
    </message>
    <message>
        <source>Too many wrong PINs. Try again in %1 s.</source>
        <translation>Πολλοί λάθος κωδικοί. Δοκιμάστε ξανά σε %1 δευτ.</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>Initializing</source>
        <translation>Αρχικοποίηση</translation>
    </message>
    <message>
        <source>Please wait</source>
        <translation>Παρακαλώ περιμένετε</translation>
    </message>
    <message>
        <source>Rebooting</source>
        <translation>Επανεκκίνηση</translation>
    </message>
    <message>
        <source>Shutting down</source>
        <translation>Τερματισμός λειτουργίας</translation>
    </message>
    <message>
        <source>Exiting</source>
        <translation>Έξοδος</translation>
    </message>
    <message>
        <source>Please collect your card</source>
        <translation>Παραλάβετε την κάρτα σας</translation>
    </message>
    <message>
        <source>Thank you</source>
        <translation>Ευχαριστούμε</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Αποσυνδέθηκε</translation>
    </message>
    <message>
        <source>Reboot failed: system service unavailable</source>
        <translation>Η επανεκκίνηση απέτυχε: η υπηρεσία συστήματος δεν είναι διαθέσιμη</translation>
    </message>
    <message>
        <source>Shutdown failed: system service unavailable</source>
        <translation>Ο τερματισμός απέτυχε: η υπηρεσία συστήματος δεν είναι διαθέσιμη</translation>
    </message>
</context>
<context>
    <name>OutOfOrder</name>
    <message>
        <source>Out-of-order</source>
        <translation>Προσωρινά Εκτός Λειτουργίας</translation>
    </message>
</context>
<context>
    <name>Region</name>
    <message>
        <source>Not accepted: %1</source>
        <translation>Δεν έγινε δεκτό: %1</translation>
    </message>
</context>
<context>
    <name>ValidatorConfig</name>
    <message>
        <source>No validator connected: its settings cannot be changed</source>
        <translation>Δεν υπάρχει συνδεδεμένος επικυρωτής: οι ρυθμίσεις του δεν μπορούν να αλλάξουν</translation>
    </message>
</context>
</TS>
